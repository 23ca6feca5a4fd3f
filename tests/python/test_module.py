import gyrant_module


def test_module_doc_and_flavour():
    doc = gyrant_module.__doc__
    lines = doc.splitlines()
    assert lines[0] == "        GPU-accelerated Differentiable Winding Number Field library."
    assert lines[1] == ""
    assert "Compatible with any framework supporting DLPack / Array API" in doc
    # Every text line carries the eight-space indentation.
    assert all(line.startswith(" " * 8) for line in lines if line)
    assert gyrant_module.flavour in ("cuda", "host")

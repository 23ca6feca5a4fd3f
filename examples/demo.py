"""gyrant demo: builds the module's smoke check until the full demo lands."""
import gyrant_module

print(gyrant_module.__doc__)
print("flavour:", gyrant_module.flavour)

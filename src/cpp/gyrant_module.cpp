// Python binding of the engine.
#include "platform.h"

#include <nanobind/nanobind.h>

namespace nb = nanobind;

static char const* const kModuleDoc =
    "        GPU-accelerated Differentiable Winding Number Field library.\n"
    "\n"
    "        Compatible with any framework supporting DLPack / Array API (PyTorch, JAX, CuPy,\n"
    "        etc.). All inputs must reside on the same CUDA device.\n";

NB_MODULE(gyrant_module, m) {
    m.doc() = kModuleDoc;
    // Which arrays the module takes: CUDA arrays ("cuda") or CPU arrays ("host").
    m.attr("flavour") = gyrant::kFlavour;
}

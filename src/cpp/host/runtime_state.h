// State shared by the host runtime (runtime.cpp) and the executor (executor.cpp).
#pragma once

#include "host/executor.h"

namespace gyrant::host::detail {

//! cudaSuccess for the default streams and live streams, else cudaErrorInvalidResourceHandle.
cudaError_t check_stream(cudaStream_t stream);

}  // namespace gyrant::host::detail

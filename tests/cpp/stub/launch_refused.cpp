// Linked with the executor stub of builds without tests (src/cpp/host/executor_stub.cpp), in place
// of the fiber executor: a launch must stop the process and name the kernel, never return as if
// the kernel had written its outputs. CTest checks the message (see CMakeLists.txt).
#include "platform.h"

#include <cstdio>

__global__ void stub_check_kernel(int* out) { *out = 1; }

int main() {
    int out = 0;
    GYRANT_LAUNCH(stub_check_kernel, 1, 32, 0, nullptr, &out);
    std::printf("the launch returned (out = %d)\n", out);
    return 0;
}

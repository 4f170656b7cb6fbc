# Toolchain of the wheels for PyPI (make wheel): every native module, in C or
# C++, is compiled and linked by zig's clang against the symbol versions of
# glibc 2.17, with the C++ runtime (libc++) linked in, so the wheels can carry
# the manylinux2014 tag (manylinux_2_17) that auditwheel checks.
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")

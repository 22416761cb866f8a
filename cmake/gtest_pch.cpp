// The program that carries the precompiled gtest.h which every test program
// of the build reuses (see the top-level CMakeLists.txt). It has no tests.

/// \file
/// Symbol export for libBRV. The library is built with hidden visibility;
/// only what is marked BRV_EXPORT is part of its binary interface.
#pragma once

#if defined(__GNUC__)
/// Marks a class or function as part of the library's binary interface
/// (default visibility); empty for compilers other than GCC and Clang.
#define BRV_EXPORT __attribute__((visibility("default")))
#else
#define BRV_EXPORT
#endif

// Which versions of the C library's pow and exp the module binds to.
//
// On Linux, pow and exp are bound to their oldest versions, which every glibc
// from 2.17 on has, so that the module loads on the oldest systems the wheels
// serve. Since glibc 2.28 both versions compute with the same code; the old
// ones only also report errors through errno, which nothing here reads.
// Every source that calls them includes this header.
#pragma once

#include <cmath>

#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pow,pow@GLIBC_2.2.5");
__asm__(".symver exp,exp@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pow,pow@GLIBC_2.17");
__asm__(".symver exp,exp@GLIBC_2.17");
#endif

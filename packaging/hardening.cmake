# The hardening Debian builds every package with, as dpkg-buildflags gives it
# with hardening=+all: stack protector, format-string warnings, a
# position-independent executable with full RELRO (bind-now), and the
# checked libc calls of _FORTIFY_SOURCE. Set here rather than taken from
# dpkg-buildflags, which not every build machine has, so that every preset
# builds and tests the programs as the package ships them.
add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security -fPIE)
add_link_options(-pie -Wl,-z,relro -Wl,-z,now)

# _FORTIFY_SOURCE has two limits:
# - It works only when optimising, and glibc warns otherwise, which -Werror
#   turns into a failed build. A debug build (and one with no build type) is
#   therefore made with -Og, the optimisation meant for debugging.
# - The sanitizers do not support it: the fortified wrappers (__memcpy_chk
#   and the like) slip past their interceptors, so that errors they would
#   catch go unseen. They check every access more finely anyway, so a build
#   with -fsanitize= in its flags (the sanitize and fuzz presets) leaves
#   _FORTIFY_SOURCE out and keeps the rest.
# -U first: some compilers define it already, and a second definition warns.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 $<$<CONFIG:Debug,>:-Og>)
endif()

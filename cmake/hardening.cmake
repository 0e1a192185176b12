# Optimised builds (Release, RelWithDebInfo, MinSizeRel) carry the hardening
# a distribution's packages carry: checked string and memory routines, stack
# protector, and the relocations made read-only and bound at start. A
# sanitizer build leaves them out (the sanitizers do that checking).
set(hardened_types Release RelWithDebInfo MinSizeRel)
if(CMAKE_BUILD_TYPE IN_LIST hardened_types AND NOT SANITIZE)
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
  add_link_options(-Wl,-z,relro,-z,now)
endif()

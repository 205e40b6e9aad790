# nettle (SHA-256, Ed25519, base64) with GMP under it, as the target upg_nettle.
# The host links Debian's packages; the phone's static program links the
# mipsel archives that scripts/mipsel-libs.sh unpacks into the build tree.
if(TARGET upg_nettle)
  return()
endif()
add_library(upg_nettle INTERFACE)
if(UPG_TARGET_MIPSEL)
  set(UPG_MIPSEL_LIBS ${PROJECT_SOURCE_DIR}/build/mipsel-libs/root CACHE PATH "Unpacked mipsel nettle and gmp")
  set(lib ${UPG_MIPSEL_LIBS}/usr/lib/mipsel-linux-gnu)
  if(NOT EXISTS ${lib}/libhogweed.a)
    message(FATAL_ERROR "no mipsel nettle in ${UPG_MIPSEL_LIBS}: run scripts/mipsel-libs.sh")
  endif()
  target_include_directories(upg_nettle SYSTEM INTERFACE ${UPG_MIPSEL_LIBS}/usr/include
                             ${UPG_MIPSEL_LIBS}/usr/include/mipsel-linux-gnu)
  # The variant linked against the shared C library (UPG_DYNAMIC), which
  # measures the program's own size, takes them shared too.
  target_link_libraries(upg_nettle INTERFACE
    "$<IF:$<BOOL:$<TARGET_PROPERTY:UPG_DYNAMIC>>,${lib}/libhogweed.so;${lib}/libnettle.so;${lib}/libgmp.so,${lib}/libhogweed.a;${lib}/libnettle.a;${lib}/libgmp.a>")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET hogweed nettle gmp)
  target_link_libraries(upg_nettle INTERFACE PkgConfig::NETTLE)
endif()

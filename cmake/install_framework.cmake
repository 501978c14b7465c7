# Installs the framework for host programs built outside this tree: the
# headers under <prefix>/include/hubd (with the tree's include paths, e.g.
# "libpal/tframe/app.h"), the static libraries, the CMake package
# (find_package(hubd CONFIG) gives hubd::framework) and hubd.pc.
# `make install` installs it beside the program (component "framework");
# the Debian package carries the program alone (HUBD_INSTALL_FRAMEWORK=OFF).
include(CMakePackageConfigHelpers)

option(HUBD_INSTALL_FRAMEWORK "install the headers, libraries, CMake package and hubd.pc" ON)

# The headers are checked as C++20, the language the libraries are built in.
target_compile_features(hubd_framework INTERFACE cxx_std_20)

if(NOT HUBD_INSTALL_FRAMEWORK)
  return()
endif()

set(HUBD_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/hubd")
set(HUBD_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# Every header of an installed library, but the *_imp.h ones: they are shared
# between the units of one library, and no other header includes them
# (scripts/check-install.sh compiles each installed header on its own).
foreach(lib ${HUBD_LIBS})
  file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE "${PROJECT_SOURCE_DIR}/src/lib"
       "${PROJECT_SOURCE_DIR}/src/lib/${lib}/*.h")
  foreach(header ${headers})
    if(header MATCHES "_imp\\.h$")
      continue()
    endif()
    get_filename_component(header_dir "${header}" DIRECTORY)
    install(FILES "${PROJECT_SOURCE_DIR}/src/lib/${header}" DESTINATION "include/hubd/${header_dir}"
            COMPONENT framework)
  endforeach()
endforeach()

set_target_properties(hubd_framework PROPERTIES EXPORT_NAME framework)
install(TARGETS ${HUBD_LIBS} hubd_framework EXPORT hubdTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT framework)
install(EXPORT hubdTargets NAMESPACE hubd:: DESTINATION "${HUBD_CMAKE_PACKAGE_DIR}" COMPONENT framework)

# The system libraries the framework links: whatever a library names that is
# not a target of its own (dl, libcap, libsystemd, libedit).
set(HUBD_SYSTEM_LIBS "")
foreach(lib ${HUBD_LIBS})
  get_target_property(deps ${lib} LINK_LIBRARIES)
  foreach(dep ${deps})
    if(NOT TARGET ${dep})
      list(APPEND HUBD_SYSTEM_LIBS ${dep})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES HUBD_SYSTEM_LIBS)
# The C library brings the loader's; the others come with a -dev package a
# consumer may lack, which hubdConfig.cmake names.
set(HUBD_CHECKED_LIBS ${HUBD_SYSTEM_LIBS})
if(CMAKE_DL_LIBS)
  list(REMOVE_ITEM HUBD_CHECKED_LIBS ${CMAKE_DL_LIBS})
endif()

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/hubdConfig.cmake.in"
                              "${PROJECT_BINARY_DIR}/cmake/hubdConfig.cmake"
                              INSTALL_DESTINATION "${HUBD_CMAKE_PACKAGE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/cmake/hubdConfigVersion.cmake"
                                 COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/cmake/hubdConfig.cmake" "${PROJECT_BINARY_DIR}/cmake/hubdConfigVersion.cmake"
        DESTINATION "${HUBD_CMAKE_PACKAGE_DIR}" COMPONENT framework)

# hubd.pc: the libraries of the top layer first. pkg-config keeps only the
# last of repeated -l flags, so the cycle of the runtime libraries (libpal,
# libconf, liblog use one another) is a linker group instead of repeats.
set(HUBD_PC_LIBS "")
foreach(lib ${HUBD_LIBS})
  list(PREPEND HUBD_PC_LIBS "-l${lib}")
endforeach()
list(JOIN HUBD_PC_LIBS " " HUBD_PC_LIBS)
set(HUBD_PC_SYSTEM_LIBS "")
foreach(lib ${HUBD_SYSTEM_LIBS})
  string(APPEND HUBD_PC_SYSTEM_LIBS " -l${lib}")
endforeach()
configure_file("${PROJECT_SOURCE_DIR}/cmake/hubd.pc.in" "${PROJECT_BINARY_DIR}/cmake/hubd.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/cmake/hubd.pc" DESTINATION "${HUBD_PKGCONFIG_DIR}" COMPONENT framework)

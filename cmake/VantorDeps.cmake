# Third-party libraries, all from the distribution's packages.

# Windows builds link zlib statically: a title must run with nothing but system DLLs.
if(WIN32)
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)

# Boost.Regex is used header-only. The cross build must not see /usr/include (glibc
# headers), so it gets a folder that holds nothing but a link to the boost headers.
set(VANTOR_BOOST_ROOT /usr/include/boost CACHE PATH "Boost headers (1.81 or later)")
set(_boost_shim ${CMAKE_BINARY_DIR}/boost-include)
if(NOT EXISTS ${_boost_shim}/boost)
  file(MAKE_DIRECTORY ${_boost_shim})
  file(CREATE_LINK ${VANTOR_BOOST_ROOT} ${_boost_shim}/boost SYMBOLIC)
endif()
add_library(vantor_boost INTERFACE)
target_include_directories(vantor_boost SYSTEM INTERFACE ${_boost_shim})
target_compile_definitions(vantor_boost INTERFACE BOOST_REGEX_STANDALONE)

# GoogleTest is built from the distribution's sources so that native, sanitizer and
# cross builds all use the same code with their own flags.
if(VANTOR_TESTS AND NOT VANTOR_FUZZ)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

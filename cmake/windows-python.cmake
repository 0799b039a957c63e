# The Python headers and library for a module cross-built for 64-bit Windows with MinGW-w64
# (cmake/windows-cross.cmake), included before find_package(Python) when cross-compiling there.
#
# The build interpreter is a Linux one; its headers serve the target except pyconfig.h, which
# describes the platform. Python.h includes "pyconfig.h" from its own folder first, so the
# headers are copied into the build tree with cmake/windows-pyconfig/pyconfig.h (limited API
# only) in place of the interpreter's, and Python_INCLUDE_DIR names the copy.
#
# The module is linked against python3.dll, the stable ABI's DLL, which binutils reads directly
# (no import library needed): Python_SABI_LIBRARY must name a python3.dll of the oldest CPython
# the module supports, so that a function newer than that version does not link.

if(NOT Python_INCLUDE_DIR OR NOT EXISTS "${Python_INCLUDE_DIR}/Python.h")
  message(FATAL_ERROR "set Python_INCLUDE_DIR to the build interpreter's headers (scikit-build-core does)")
endif()
if(NOT Python_SABI_LIBRARY OR NOT Python_SABI_LIBRARY MATCHES "/python3\\.dll$" OR NOT EXISTS "${Python_SABI_LIBRARY}")
  message(FATAL_ERROR "set Python_SABI_LIBRARY to the python3.dll of Windows' CPython 3.12 "
                      "(the embeddable distribution has one); now: '${Python_SABI_LIBRARY}'")
endif()

set(velkor_windows_include "${CMAKE_BINARY_DIR}/windows-python-include")
cmake_path(COMPARE "${Python_INCLUDE_DIR}" EQUAL "${velkor_windows_include}" velkor_include_is_copy)
if(NOT velkor_include_is_copy)
  file(REMOVE_RECURSE "${velkor_windows_include}")
  file(COPY "${Python_INCLUDE_DIR}/" DESTINATION "${velkor_windows_include}" PATTERN "pyconfig.h" EXCLUDE)
  # Debian's multiarch pyconfig.h includes a header of another folder; this one stands alone.
  file(COPY "${CMAKE_CURRENT_LIST_DIR}/windows-pyconfig/pyconfig.h" DESTINATION "${velkor_windows_include}")
  set(Python_INCLUDE_DIR "${velkor_windows_include}" CACHE PATH "Python headers for the Windows target" FORCE)
endif()
# The interpreter is asked nothing about the target: the module's name is set in src/.
set(Python_FIND_REGISTRY NEVER)

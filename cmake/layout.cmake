# How the extension's machine code is laid out: link-time optimisation across the units and
# a profile of a training run (tools/pgo_train.py) that tells the compiler which paths are hot.
#
# The units are small by design, so each call between them is a real call and the code one
# operation runs is spread over the whole library; the small calls were bound by
# instruction-cache misses more than by instructions. The profile lets the compiler inline
# along the hot calls, move error and rare-type blocks out of the hot functions and keep the
# hot functions together. Only GCC Release builds of the extension take part: the sanitizer,
# fuzzing and GoogleTest builds compile the units as they are.

if(POLICY CMP0225)
  cmake_policy(SET CMP0225 NEW)  # the training build installs nothing either way
endif()

option(VELUM_LTO "Link-time optimisation of the extension (GCC Release builds)" ON)
option(VELUM_PGO "Profile-guided optimisation of the extension (GCC Release builds)" ON)
# Set only by the nested training build below. Not forced (INTERNAL would be): a
# reconfigure of that build (a source added) must keep the values it was given.
set(VELUM_PGO_PHASE "" CACHE STRING "generate: the instrumented build of the training run")
set(VELUM_PGO_DATA "" CACHE STRING "where the training run leaves its counts")
mark_as_advanced(VELUM_PGO_PHASE VELUM_PGO_DATA)

function(velum_optimise_layout target)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_BUILD_TYPE STREQUAL "Release"
     OR VELUM_SANITIZE)
    return()
  endif()
  # Counts are keyed by each object's path below its build directory, which is the same in
  # the training build and this one.
  set(prefix -fprofile-prefix-path=${CMAKE_BINARY_DIR})
  if(VELUM_PGO_PHASE STREQUAL "generate")
    target_compile_options(${target} PRIVATE -fprofile-generate=${VELUM_PGO_DATA} ${prefix}
                           -fprofile-update=single)
    target_link_options(${target} PRIVATE -fprofile-generate)
    set_target_properties(${target} PROPERTIES SUFFIX ".so")
    return()
  endif()
  if(VELUM_LTO)
    set_property(TARGET ${target} PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
    # The code is generated at the link, so that is where the warnings must be asked for.
    target_link_options(${target} PRIVATE ${VELUM_WARNINGS})
  endif()
  if(NOT VELUM_PGO)
    return()
  endif()
  include(ExternalProject)
  set(gen ${CMAKE_BINARY_DIR}/pgo-generate)
  set(data ${CMAKE_BINARY_DIR}/pgo-data)
  set(module ${gen}/${target}.so)
  # The instrumented build is rebuilt whenever a source changes, which reruns the training
  # and recompiles every unit here with fresh counts: a profile never outlives its sources.
  ExternalProject_Add(velum_pgo_generate
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${gen}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DVELUM_PGO_PHASE=generate -DVELUM_PGO_DATA=${data}
               -DVELUM_BUILD_GTEST=OFF -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
               -DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM} -DPython_EXECUTABLE=${Python_EXECUTABLE}
               -DPython_INCLUDE_DIR=${Python_INCLUDE_DIRS}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${module})
  set(stamp ${data}/trained.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${data}
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${gen}:${CMAKE_SOURCE_DIR}/python
            PYTHONHASHSEED=0 PYTHONDONTWRITEBYTECODE=1
            ${Python_EXECUTABLE} -s ${CMAKE_SOURCE_DIR}/tools/pgo_train.py
    # Again on the baseline instruction forms, so that both roads of the routines with
    # AVX-512 forms are laid out as hot, whichever this machine takes.
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${gen}:${CMAKE_SOURCE_DIR}/python
            PYTHONHASHSEED=0 PYTHONDONTWRITEBYTECODE=1 VELUM_BASELINE_ISA=1
            ${Python_EXECUTABLE} -s ${CMAKE_SOURCE_DIR}/tools/pgo_train.py
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS velum_pgo_generate ${module} ${CMAKE_SOURCE_DIR}/tools/pgo_train.py
    COMMENT "Training run of the profile-guided build"
    VERBATIM)
  add_custom_target(velum_pgo_profile DEPENDS ${stamp})
  add_dependencies(${target} velum_pgo_profile)
  get_target_property(sources ${target} SOURCES)
  set_source_files_properties(${sources} PROPERTIES OBJECT_DEPENDS ${stamp})
  # Functions the training never ran are compiled as without a profile, not for size.
  target_compile_options(${target} PRIVATE -fprofile-use=${data} ${prefix}
                         -fprofile-partial-training)
endfunction()

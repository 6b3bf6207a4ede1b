# Helpers shared by every area of the tree.

# teskel_add_test(NAME name SOURCES ... LIBS ... [LABELS ...])
# One GoogleTest binary per area; every test case becomes a CTest test.
function(teskel_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${T_NAME} PRIVATE TESKEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                               TESKEL_BINARY_DIR="${PROJECT_BINARY_DIR}")
  # teskel/test_env.h: start the tree's programs through $TESKEL_EMULATOR, scale stress runs.
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/include)
  set(props ENVIRONMENT "TESKEL_BINARY_DIR=${PROJECT_BINARY_DIR}")
  # A cross build runs its tests under the emulator (CMAKE_CROSSCOMPILING_EMULATOR, gtest discovery
  # included); programs that the tests start need it too, so the tests are told its command line.
  # (A second variable goes through ENVIRONMENT_MODIFICATION: test discovery cannot carry a
  # two-entry ENVIRONMENT list.)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    list(APPEND props ENVIRONMENT_MODIFICATION "TESKEL_EMULATOR=set:${emulator}")
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES ${props})
endfunction()

# teskel_host_executable(target)
# For a program that loads a driver library (libTeskel.so) at run time. The driver links no
# platform library: its NDIS, CEDDK, registry (Reg*) and COREDLL (MessageBoxW, LocalAlloc ...)
# calls resolve into the program when it is loaded. So the program carries every object of those
# platform libraries, called by itself or not, and exports their symbols. Call it after the
# target's other target_link_libraries calls.
function(teskel_host_executable target)
  # Dependents first: the whole-archive group is emitted in this order, each library once.
  set(platform teskel_ndis teskel_registry teskel_ceddk teskel_coredll)
  get_target_property(linked ${target} LINK_LIBRARIES)
  if(linked)
    # A library named plainly and as a whole archive would be linked twice.
    list(REMOVE_ITEM linked ${platform})
    set_property(TARGET ${target} PROPERTY LINK_LIBRARIES ${linked})
  endif()
  foreach(lib IN LISTS platform)
    target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${lib}>")
    # The same when another library of the program pulls it in as a plain dependency.
    set_property(TARGET ${target} PROPERTY LINK_LIBRARY_OVERRIDE_${lib} WHOLE_ARCHIVE)
  endforeach()
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()

# Unity builds (PONDREL_UNITY, on in the presets `make test` uses): each
# target's sources are compiled as one translation unit, or in batches of
# PONDREL_UNITY_BATCH files, so that the headers they share (the emulator's,
# the DDK's, gtest's, the standard library's) are parsed once per target
# rather than once per file. A fresh build then takes well under half the
# compiler time. Off, every file is compiled on its own, which is also what
# shows a file that does not include what it uses: build that way
# (-DPONDREL_UNITY=OFF) before relying on a new #include being right.
#
# Included before any target is made; pondrel_unity_alone() is called after.
option(PONDREL_UNITY "Compile each target's sources in batches (unity build)" OFF)
set(PONDREL_UNITY_BATCH 0 CACHE STRING "Source files per unity batch (0: a whole target in one)")
if(PONDREL_UNITY)
  set(CMAKE_UNITY_BUILD ON)
  set(CMAKE_UNITY_BUILD_BATCH_SIZE ${PONDREL_UNITY_BATCH})
endif()

# The files that give a file-local name (in an anonymous namespace) which
# another file of the same target gives too: in one translation unit the two
# would meet, so each of these is compiled on its own. A unity build that
# fails with "redefinition" or "ambiguous" names the file to add here.
function(pondrel_unity_alone target)
  if(NOT TARGET ${target})
    return()
  endif()
  list(TRANSFORM ARGN PREPEND ${CMAKE_SOURCE_DIR}/)
  set_source_files_properties(${ARGN} TARGET_DIRECTORY ${target}
    PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
endfunction()

# The session language, in pondrel_session (Linux) and pondrelctl (Windows).
set(PONDREL_SESSION_ALONE
  tools/session/lower_command.cpp tools/session/parser.cpp tools/session/pipe_table.cpp
  tools/session/status_names.cpp tools/session/text.cpp tools/session/text_file.cpp)

# After every target is made: the lists, target by target.
macro(pondrel_unity_exceptions)
  pondrel_unity_alone(pondrel_emu_kernel
    emulator/kernel/pool.cpp emulator/kernel/spin_lock.cpp emulator/kernel/work_items.cpp)
  pondrel_unity_alone(pondrel_emu_usb
    emulator/usb/enumeration.cpp emulator/usb/speed_descriptors.cpp emulator/usb/urb_dispatch.cpp)
  pondrel_unity_alone(pondrel_emu_system emulator/power/power_state.cpp)
  pondrel_unity_alone(pondrel_emu_loader emulator/loader/pe_reader.cpp emulator/loader/relocations.cpp)
  pondrel_unity_alone(pondrel_session ${PONDREL_SESSION_ALONE})
  pondrel_unity_alone(pondrelctl ${PONDREL_SESSION_ALONE})
  pondrel_unity_alone(pondrel_stress tools/stress/life_plan.cpp tools/stress/pending_reader.cpp)
  pondrel_unity_alone(pondrel-sim tools/pondrel-sim/request_observer.cpp
    tools/pondrel-sim/stress_command.cpp tools/pondrel-sim/sweep_command.cpp)
  pondrel_unity_alone(pondrel_fuzz_harness fuzz/harness/pipe_name.cpp)
  pondrel_unity_alone(pondrel_system_tests tests/system/app_test.cpp tests/system/power_probe.cpp)
  pondrel_unity_alone(pondrel_usb_bus_tests tests/usb/bus_transfer_test.cpp)
endmacro()

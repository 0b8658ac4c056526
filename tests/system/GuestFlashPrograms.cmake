# The flash programs for the drive models of the QEMU guest, on the system's
# own drive access (SG_IO on Linux, pass-through and ASPI on Windows), one per
# image class of the samples: no profile (Q150), long-ID profile with the
# whole-flash start (K300), short-ID profile (S150). They press FLASH and
# print every box and status line (fu_scripted_flash_desktop).
#
# Their profile data, SYSTEST.PRF in the calling folder's build directory
# (target fu_system_profiles), has the layout of the real data with bytes of
# its own, so the programs send it to a drive on the real stack (they refuse
# to send the stand-in there).
#
#   flashutil_guest_flash_programs(<list variable>): defines the programs
#   flashutil-system-<IMAGE> and sets the variable to their files.
function(flashutil_guest_flash_programs out)
  set(profiles "${CMAKE_CURRENT_BINARY_DIR}/SYSTEST.PRF")
  add_custom_command(OUTPUT "${profiles}"
    COMMAND ${FLASHUTIL_MKPROFILESTANDIN} "${profiles}" 0x40
    DEPENDS ${FLASHUTIL_HOST_TOOLS}
    COMMENT "Generating the system tests' flash-chip profile data"
    VERBATIM)
  add_custom_target(fu_system_profiles DEPENDS "${profiles}")

  if(WIN32)
    add_library(fu_scripted_flash_desktop STATIC ${PROJECT_SOURCE_DIR}/tests/support/ScriptedDesktopWin.cpp)
  else()
    add_library(fu_scripted_flash_desktop STATIC ${PROJECT_SOURCE_DIR}/tests/support/ScriptedDesktop.cpp)
  endif()
  flashutil_target(fu_scripted_flash_desktop)
  target_compile_definitions(fu_scripted_flash_desktop PRIVATE FLASHUTIL_SCRIPTED_FLASH=1)
  target_link_libraries(fu_scripted_flash_desktop PUBLIC fu_form)

  set(programs)
  foreach(entry "Q150|QRD-73318K|Q100-Q149|VoxTEL" "K300|DVD-ROM MVK-417|K100-K299|FLASH-ALL"
                "S150|CRW-5232S|S100-S199|VoxTEL")
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 image)
    list(GET fields 1 model)
    list(GET fields 2 range)
    list(GET fields 3 note)
    flashutil_package(fu_system_${image}_package BIN "${PROJECT_SOURCE_DIR}/samples/${image}.BIN"
      MODEL "${model}" INQUIRY "VOX-TEL ${model}" FW_RANGE "${range}" VENDOR "VoxTEL-DS" NOTE "${note}")
    flashutil_program(flashutil-system-${image} SG fu_system_${image}_package fu_scripted_flash_desktop)
    flashutil_profile_data(flashutil-system-${image} "${profiles}" 0)
    add_dependencies(flashutil-system-${image} fu_system_profiles)
    list(APPEND programs $<TARGET_FILE:flashutil-system-${image}>)
  endforeach()
  set(${out} ${programs} PARENT_SCOPE)
endfunction()

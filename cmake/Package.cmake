# flashutil_package(<name> BUILDER)
# flashutil_package(<name> BIN <file> MODEL <text> INQUIRY <text> FW_RANGE <text>
#                   VENDOR <text> NOTE <text> [VERSION_NAME <file name>])
#
# Generates a firmware package with the mkpackage tool and wraps it in an
# object library <name> that embeds it as initialised data (.incbin), so the
# package lies byte for byte in the program file. BUILDER makes the BIN area
# begin with the builder tag; otherwise the BIN file becomes the image.
function(flashutil_package name)
  cmake_parse_arguments(P "BUILDER" "BIN;MODEL;INQUIRY;FW_RANGE;VENDOR;NOTE;VERSION_NAME" "" ${ARGN})
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.pkg")
  set(args --keyword "${FLASHUTIL_KEYWORD}" --out "${out}")
  set(deps ${FLASHUTIL_HOST_TOOLS})
  if(P_BUILDER)
    list(APPEND args --builder)
  else()
    if(NOT P_BIN)
      message(FATAL_ERROR "flashutil_package(${name}): BIN or BUILDER is required")
    endif()
    list(APPEND args --bin "${P_BIN}" --model "${P_MODEL}" --inquiry "${P_INQUIRY}"
         --fw-range "${P_FW_RANGE}" --vendor "${P_VENDOR}" --note "${P_NOTE}")
    if(P_VERSION_NAME)
      list(APPEND args --version-name "${P_VERSION_NAME}")
    endif()
    list(APPEND deps "${P_BIN}")
  endif()
  add_custom_command(OUTPUT "${out}"
    COMMAND ${FLASHUTIL_MKPACKAGE} ${args}
    DEPENDS ${deps}
    COMMENT "Generating firmware package ${name}"
    VERBATIM)

  set(asm "${CMAKE_CURRENT_BINARY_DIR}/${name}.S")
  set(PACKAGE_FILE "${out}")
  configure_file("${PROJECT_SOURCE_DIR}/package/EmbeddedPackage.S.in" "${asm}" @ONLY)
  set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${out}")
  add_library(${name} OBJECT "${asm}" "${PROJECT_SOURCE_DIR}/package/EmbeddedPackage.cpp")
  target_link_libraries(${name} PRIVATE fu_package)
endfunction()

# Writes OUTPUT, a C++ source holding every file of ASSET_DIR as a byte array with its content type,
# so that the program serves its page without reading files at run time.
file(GLOB assets RELATIVE ${ASSET_DIR} ${ASSET_DIR}/*)
list(SORT assets)
set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS assets)
  file(READ ${ASSET_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  get_filename_component(ext ${name} LAST_EXT)
  set(type "application/octet-stream")
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(ext STREQUAL ".png")
    set(type "image/png")
  endif()
  string(APPEND arrays "const unsigned char kAsset${index}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from server/console/assets by embed_assets.cmake.\n"
  "#include \"console_assets.h\"\n\nnamespace {\n${arrays}\nconst ConsoleAsset kAssets[] = {\n${table}};\n} // namespace\n\n"
  "const ConsoleAsset *CONSOLE_FindAsset(const std::string &strName)\n{\n"
  "    for (const ConsoleAsset &stAsset : kAssets) {\n"
  "        if (strName == stAsset.pcName) {\n            return &stAsset;\n        }\n    }\n"
  "    return nullptr;\n}\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.tmp ${OUTPUT})
file(REMOVE ${OUTPUT}.tmp)

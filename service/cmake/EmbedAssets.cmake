# cmake -DOUT=file.cpp -DSOURCE_DIR=web -DFILES="index.html=/|app.js=/app.js|..." -P EmbedAssets.cmake
# Writes the files as byte arrays and a table of (path, content type, bytes) for FindAsset.
set(body "// made by service/cmake/EmbedAssets.cmake from service/web/; do not edit\n#include \"Assets.h\"\n\nnamespace {\n")
set(table "")
set(index 0)
string(REPLACE "|" ";" FILES "${FILES}")
foreach(entry IN LISTS FILES)
    string(REPLACE "=" ";" parts "${entry}")
    list(GET parts 0 file)
    list(GET parts 1 path)
    file(READ "${SOURCE_DIR}/${file}" hex HEX)
    string(LENGTH "${hex}" length)
    math(EXPR size "${length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND body "const unsigned char kAsset${index}[] = {${bytes}0};\n")
    if(file MATCHES "\\.html$")
        set(type "text/html; charset=utf-8")
    elseif(file MATCHES "\\.js$")
        set(type "text/javascript; charset=utf-8")
    elseif(file MATCHES "\\.css$")
        set(type "text/css; charset=utf-8")
    elseif(file MATCHES "\\.json$")
        set(type "application/json")
    elseif(file MATCHES "\\.svg$")
        set(type "image/svg+xml")
    else()
        set(type "application/octet-stream")
    endif()
    string(APPEND table "    {\"${path}\", \"${type}\", kAsset${index}, ${size}},\n")
    math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "const TS_ASSET kAssets[] = {\n${table}};\n\n} // namespace\n\n"
       "const TS_ASSET* FindAsset(std::string_view path) {\n"
       "    for (const TS_ASSET& asset : kAssets) {\n"
       "        if (path == asset.Path) {\n"
       "            return &asset;\n"
       "        }\n"
       "    }\n"
       "    return nullptr;\n"
       "}\n")
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)

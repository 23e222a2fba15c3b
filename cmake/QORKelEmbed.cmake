# Writes a C++ source that defines functions returning the bytes of files, so that a program
# carries them inside itself. Run as a script:
#   cmake -DOUTPUT=out.cpp -DHEADER=mon_WebAssets.h -DCLASS=mon_WebAssets
#         -DFUNCTIONS="Page;Script" -DFILES="index.html;app.js" -P QORKelEmbed.cmake
list(LENGTH FUNCTIONS count)
math(EXPR last "${count} - 1")
set(text "// Generated from ${FILES}; do not edit.\n#include \"${HEADER}\"\n\nnamespace {\n")
foreach(index RANGE ${last})
    list(GET FUNCTIONS ${index} function)
    list(GET FILES ${index} file)
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" length)
    if(length EQUAL 0)
        message(FATAL_ERROR "${file} is empty")
    endif()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Lines of 32 bytes keep compilers and editors at ease.
    string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" bytes "${bytes}")
    string(APPEND text "const unsigned char ${function}Bytes[] = {\n${bytes}\n};\n")
endforeach()
string(APPEND text "} // namespace\n\n")
foreach(function ${FUNCTIONS})
    string(APPEND text "std::string ${CLASS}::${function}() {\n"
        "    return std::string(reinterpret_cast<const char*>(${function}Bytes), "
        "sizeof ${function}Bytes);\n}\n\n")
endforeach()
file(WRITE "${OUTPUT}.partial" "${text}")
file(RENAME "${OUTPUT}.partial" "${OUTPUT}")

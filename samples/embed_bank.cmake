# Turns WAV files into byte arrays in a C++ source, at build time:
#   cmake -DOUTPUT=<file.cpp> -DIMAGES="<name>=<path>;…" -P embed_bank.cmake
# Each <name> becomes `const BankImage <name>` over that file's bytes.
set(source "// Generated from the bank's WAV files; do not edit.\n#include \"bank_images.h\"\n\nnamespace {\n")
set(definitions "")
foreach(image IN LISTS IMAGES)
    string(REPLACE "=" ";" parts "${image}")
    list(GET parts 0 name)
    list(GET parts 1 path)
    file(READ "${path}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND source "const std::uint8_t ${name}Bytes[] = {\n    ${bytes}\n};\n")
    string(APPEND definitions "const BankImage ${name}{${name}Bytes, sizeof ${name}Bytes};\n")
endforeach()
string(APPEND source "}  // namespace\n\n${definitions}")
file(WRITE "${OUTPUT}" "${source}")

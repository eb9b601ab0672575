# Turns a binary file into a C++ source defining a byte array: cmake -DIN=... -DOUT=... -DNAME=...
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}" "// Generated from ${IN}; do not edit.\n"
  "extern \"C\" const unsigned char ${NAME}Data[] = {${bytes}};\n"
  "extern \"C\" const unsigned int ${NAME}Size = ${size};\n")

# Writes a C++ source holding a text file's bytes: -DIN=file -DOUT=source -DNAME=symbol.
file(READ ${IN} hex HEX)
file(SIZE ${IN} size)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUT} "// Generated from ${IN}; do not edit.\n#include <cstddef>\n\nnamespace platform::sim {\nextern const char ${NAME}[] = {${bytes} 0};\nextern const std::size_t ${NAME}Size = ${size};\n}  // namespace platform::sim\n")

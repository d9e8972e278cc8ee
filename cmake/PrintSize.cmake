# Prints the size of a built program: -DFILE=path.
file(SIZE ${FILE} bytes)
math(EXPR kib "(${bytes} + 1023) / 1024")
get_filename_component(name ${FILE} NAME)
message(STATUS "${name}: ${bytes} bytes (${kib} KiB)")

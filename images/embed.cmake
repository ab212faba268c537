# Turns a payload into a C++ source file of constant data, after checking it.
#   cmake -DINPUT=fpga.bin -DOUTPUT=fpga_image.cpp -DSYMBOL=fpgaImage -DLENGTH=509412
#         [-DLEAD_IN=ffff...aa99] -P embed.cmake
foreach(var INPUT OUTPUT SYMBOL LENGTH)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed.cmake: ${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "payload ${SYMBOL}: ${INPUT} does not exist")
endif()

file(SIZE "${INPUT}" size)
if(NOT size EQUAL LENGTH)
  message(FATAL_ERROR "payload ${SYMBOL}: ${INPUT} is ${size} bytes; it must be exactly ${LENGTH} bytes")
endif()

file(READ "${INPUT}" hex HEX)
if(DEFINED LEAD_IN)
  string(LENGTH "${LEAD_IN}" lead_chars)
  string(SUBSTRING "${hex}" 0 ${lead_chars} head)
  if(NOT head STREQUAL LEAD_IN)
    message(FATAL_ERROR "payload ${SYMBOL}: ${INPUT} does not begin as an FPGA configuration stream "
                        "(32 bytes 0xFF, then 0xAA 0x99); found ${head}")
  endif()
endif()

# 32 bytes to a line.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REPEAT "0x..," 32 line)
string(REGEX REPLACE "(${line})" "\\1\n" body "${body}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}. Do not edit.\n"
  "#include \"update/images.h\"\n\n"
  "namespace velk {\n\n"
  "extern const unsigned char ${SYMBOL}[${LENGTH}] = {\n${body}\n};\n\n"
  "}  // namespace velk\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")

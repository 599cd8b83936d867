# Writes a C++ source that holds a text file as a constant: cmake -DINPUT=... -DOUTPUT=...
# -DNAME=kName -P embed_text.cmake. The text goes in as raw string literals of a bounded size, so
# that every compiler takes them.
file(READ ${INPUT} text)
string(LENGTH "${text}" length)
set(source "// Generated from ${INPUT}; do not edit.\nextern const char ${NAME}[];\nconst char ${NAME}[] =\n")
set(chunk 16000)
foreach(start RANGE 0 ${length} ${chunk})
  string(SUBSTRING "${text}" ${start} ${chunk} piece)
  string(APPEND source "R\"EMBED(${piece})EMBED\"\n")
endforeach()
string(APPEND source ";\n")
file(WRITE ${OUTPUT} "${source}")

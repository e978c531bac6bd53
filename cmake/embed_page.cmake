# Makes the 3D page's template one C++ source: page.html with each script it
# names by src="..." (the shaders and page.js, real files that editors,
# linters and tests take as they are) put inline, cut in two at the place
# of the data. Run in script mode at build time, so that the MinGW build
# makes it the same way:
#   cmake -DPAGE_DIR=src/view/page -DOUTPUT=page_template.cpp -P embed_page.cmake
cmake_minimum_required(VERSION 3.25)

file(READ "${PAGE_DIR}/page.html" page)
set(data_marker "<!-- hmap: data -->")
foreach(name terrain.vert terrain.frag water.vert water.frag page.js)
  set(reference " src=\"${name}\"></script>")
  string(FIND "${page}" "${reference}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "page.html names no ${name}")
  endif()
  file(READ "${PAGE_DIR}/${name}" content)
  string(TOLOWER "${content}" lower)
  string(FIND "${lower}" "</script" closing)
  string(FIND "${content}" "${data_marker}" marker_inside)
  if(NOT closing EQUAL -1 OR NOT marker_inside EQUAL -1)
    message(FATAL_ERROR "${name} holds \"</script\" or the data marker, which would end its element")
  endif()
  string(REPLACE "${reference}" ">\n${content}</script>" page "${page}")
endforeach()

string(FIND "${page}" "${data_marker}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "page.html has no ${data_marker}")
endif()
string(SUBSTRING "${page}" 0 ${at} head)
string(LENGTH "${data_marker}" marker_length)
math(EXPR tail_at "${at} + ${marker_length}")
string(SUBSTRING "${page}" ${tail_at} -1 tail)

# Each part as bytes: through a file, which CMake reads back as hex.
function(bytes_of text name out)
  file(WRITE "${OUTPUT}.${name}" "${text}")
  file(READ "${OUTPUT}.${name}" hex HEX)
  file(REMOVE "${OUTPUT}.${name}")
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  # Lines of 32 bytes.
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" hex "${hex}")
  set(${out} "const uint8_t page_${name}[] = {\n${hex}\n};\nconst size_t page_${name}_size = ${size};\n" PARENT_SCOPE)
endfunction()
bytes_of("${head}" head head_source)
bytes_of("${tail}" tail tail_source)
file(WRITE "${OUTPUT}.new"
  "// Made by cmake/embed_page.cmake from src/view/page/: edit those files, not this one.\n"
  "#include \"page.h\"\n\n${head_source}\n${tail_source}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")

# Assembles the overlay page: copies the document IN to OUT, replacing every
# line that holds only "@include NAME" (spaces around it allowed) by the text
# of the file NAME beside IN. Included files are taken as they are; they do
# not include further files. Whole-text string operations (no CMake lists),
# so semicolons and brackets in scripts and styles pass unchanged.
#   cmake -DIN=src/ui/page/overlay.html -DOUT=overlay.html -P cmake/assemble_page.cmake
cmake_minimum_required(VERSION 3.25)
get_filename_component(dir ${IN} DIRECTORY)
file(READ ${IN} rest)
set(text "")
while(TRUE)
  string(REGEX MATCH "(^|\n)[ \t]*@include[ \t]+([A-Za-z0-9_.-]+)[ \t]*(\n|$)" directive "${rest}")
  if(directive STREQUAL "")
    break()
  endif()
  set(name ${CMAKE_MATCH_2})
  string(FIND "${rest}" "${directive}" at)
  string(SUBSTRING "${rest}" 0 ${at} before)
  string(LENGTH "${directive}" skip)
  math(EXPR after "${at} + ${skip}")
  string(SUBSTRING "${rest}" ${after} -1 rest)
  file(READ ${dir}/${name} part)
  if(NOT part MATCHES "\n$")
    string(APPEND part "\n")
  endif()
  # The directive's own line breaks: the one before stays, the one after is
  # the included text's last.
  if(directive MATCHES "^\n")
    string(APPEND before "\n")
  endif()
  string(APPEND text "${before}${part}")
endwhile()
string(APPEND text "${rest}")
file(WRITE ${OUT}.tmp "${text}")
file(RENAME ${OUT}.tmp ${OUT})

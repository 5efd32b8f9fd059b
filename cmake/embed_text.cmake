# Writes the file IN as a C++ header OUT that defines the string constant NAME
# holding its text (a raw string literal; the text must not contain the
# delimiter ")krel_embed\"").
file(READ ${IN} text)
file(WRITE ${OUT} "#pragma once\n// Generated from ${IN}; do not edit.\nnamespace krel {\ninline constexpr const char* ${NAME} = R\"krel_embed(${text})krel_embed\";\n}\n")

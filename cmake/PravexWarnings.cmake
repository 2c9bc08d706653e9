# Warnings are errors in our own code; Qt and system headers come in as system includes.
add_compile_options(-Wall -Wextra -Werror)

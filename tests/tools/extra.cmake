# The template tool is run as a child process, as its users run it.
add_dependencies(tst_templatetool tidewell-template)
target_compile_definitions(tst_templatetool PRIVATE TEMPLATE_TOOL="$<TARGET_FILE:tidewell-template>")

# Puts an .icns file into a macOS bundle's Resources folder and names it as
# the bundle's icon. The rule that makes the file may sit in another folder
# than the bundle target, and a source file's properties and a custom
# command's outputs are seen only by the targets of the folder that made
# them. So the package location is set in the target's own folder, and the
# target waits for a custom target made here, beside the rule, that builds
# the file.
function(kestrue_attach_bundle_icon target icns)
    get_filename_component(icon_name "${icns}" NAME)
    add_custom_target(${target}_icon DEPENDS "${icns}")
    add_dependencies(${target} ${target}_icon)
    target_sources(${target} PRIVATE "${icns}")
    set_source_files_properties("${icns}" TARGET_DIRECTORY ${target}
        PROPERTIES MACOSX_PACKAGE_LOCATION Resources)
    set_target_properties(${target} PROPERTIES MACOSX_BUNDLE_ICON_FILE "${icon_name}")
endfunction()

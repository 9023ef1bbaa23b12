# The names that tie the host, its native-messaging manifests and the browser
# extension together.
set(QUORVANTA_HOST_NAME lv.quorvanta.token_signing)
# Fixed by the "key" in extension/manifest.json: the first 128 bits of the
# SHA-256 of that public key, in hexadecimal digits written as a to p.
set(QUORVANTA_EXTENSION_ID ikhnbkendofbjaefjfljnjofmhkgfopg)
set(QUORVANTA_GECKO_ID token-signing@quorvanta.lv)
set(QUORVANTA_HOST_MANIFEST_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/host-manifest.json.in)

# quorvanta_host_manifests(DIR HOST_PATH): writes DIR/chrome/NAME.json (for
# Chromium, Chrome and Edge) and DIR/firefox/NAME.json, both naming the host
# program at HOST_PATH.
function(quorvanta_host_manifests dir host_path)
    string(REPLACE "\\" "\\\\" manifest_path "${host_path}")
    string(REPLACE "\"" "\\\"" manifest_path "${manifest_path}")
    set(manifest_allowed "\"allowed_origins\": [\"chrome-extension://${QUORVANTA_EXTENSION_ID}/\"]")
    configure_file(${QUORVANTA_HOST_MANIFEST_TEMPLATE} ${dir}/chrome/${QUORVANTA_HOST_NAME}.json @ONLY)
    set(manifest_allowed "\"allowed_extensions\": [\"${QUORVANTA_GECKO_ID}\"]")
    configure_file(${QUORVANTA_HOST_MANIFEST_TEMPLATE} ${dir}/firefox/${QUORVANTA_HOST_NAME}.json @ONLY)
endfunction()

# The extension as the stores take it: one zip for the Chromium stores and the
# same files as an .xpi for Firefox, in BUILD/extension/. Target
# quorvanta-extension-packages; the files' list is QUORVANTA_EXTENSION_PACKAGES.
set(QUORVANTA_EXTENSION_DIR ${CMAKE_CURRENT_LIST_DIR}/../extension)
get_filename_component(QUORVANTA_EXTENSION_DIR ${QUORVANTA_EXTENSION_DIR} ABSOLUTE)
function(quorvanta_extension_packages)
    file(GLOB files RELATIVE ${QUORVANTA_EXTENSION_DIR} CONFIGURE_DEPENDS
        ${QUORVANTA_EXTENSION_DIR}/manifest.json ${QUORVANTA_EXTENSION_DIR}/*.js)
    list(SORT files)
    set(base ${CMAKE_BINARY_DIR}/extension/quorvanta-extension-${PROJECT_VERSION})
    set(packages ${base}.zip ${base}.xpi)
    list(TRANSFORM files PREPEND ${QUORVANTA_EXTENSION_DIR}/ OUTPUT_VARIABLE sources)
    add_custom_command(OUTPUT ${packages}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/extension
        COMMAND ${CMAKE_COMMAND} -E tar cf ${base}.zip --format=zip --mtime=2000-01-01 ${files}
        COMMAND ${CMAKE_COMMAND} -E copy ${base}.zip ${base}.xpi
        WORKING_DIRECTORY ${QUORVANTA_EXTENSION_DIR}
        DEPENDS ${sources}
        COMMENT "Packing the browser extension")
    add_custom_target(quorvanta-extension-packages ALL DEPENDS ${packages})
    set(QUORVANTA_EXTENSION_PACKAGES ${packages} PARENT_SCOPE)
endfunction()

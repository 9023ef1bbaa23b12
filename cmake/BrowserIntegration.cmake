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

# The extension's packages, in BUILD/extension/ (target
# quorvanta-extension-packages):
#   quorvanta-extension-VERSION.zip   the development copy as it is, with the
#       "key" that fixes its Chromium ID: for loading it unpacked, by hand
#   quorvanta-extension-VERSION-chrome-web-store.zip   for the Chrome Web
#       Store, which refuses a "key" and gives the ID itself
#   quorvanta-extension-VERSION.xpi   for addons.mozilla.org, and for Firefox
# Each store's package holds only the manifest members its browser reads. The
# installed packages (the .zip and the .xpi) are QUORVANTA_EXTENSION_PACKAGES.
set(QUORVANTA_EXTENSION_DIR ${CMAKE_CURRENT_LIST_DIR}/../extension)
get_filename_component(QUORVANTA_EXTENSION_DIR ${QUORVANTA_EXTENSION_DIR} ABSOLUTE)
set(QUORVANTA_PACK_EXTENSION ${CMAKE_CURRENT_LIST_DIR}/PackExtension.cmake)
function(quorvanta_extension_packages)
    file(GLOB sources CONFIGURE_DEPENDS ${QUORVANTA_EXTENSION_DIR}/manifest.json ${QUORVANTA_EXTENSION_DIR}/*.js)
    set(base ${CMAKE_BINARY_DIR}/extension/quorvanta-extension-${PROJECT_VERSION})
    set(packages)
    foreach(package "${base}.zip|"
            "${base}-chrome-web-store.zip|key,browser_specific_settings,background.scripts"
            "${base}.xpi|key,minimum_chrome_version,background.service_worker")
        string(REGEX REPLACE "\\|.*" "" output "${package}")
        string(REGEX REPLACE "^[^|]*\\|" "" drop "${package}")
        get_filename_component(name ${output} NAME)
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -DSOURCE=${QUORVANTA_EXTENSION_DIR} -DSTAGING=${CMAKE_BINARY_DIR}/extension/${name}.d
                -DOUTPUT=${output} -DDROP=${drop} -P ${QUORVANTA_PACK_EXTENSION}
            DEPENDS ${sources} ${QUORVANTA_PACK_EXTENSION}
            COMMENT "Packing the browser extension as ${name}"
            VERBATIM)
        list(APPEND packages ${output})
    endforeach()
    add_custom_target(quorvanta-extension-packages ALL DEPENDS ${packages})
    set(QUORVANTA_EXTENSION_PACKAGES ${base}.zip ${base}.xpi PARENT_SCOPE)
endfunction()

// Page script's view of the plugin, run by Windows Script Host: objects made
// by ProgID, the version, the stored language, and refused calls caught as
// exceptions carrying the plugin's message. The exit code is the number of
// failed checks.
var failures = 0;
function check(name, actual, expected) {
    if (actual !== expected) {
        WScript.Echo("FAIL: " + name + ": got '" + actual + "', expected '" + expected + "'");
        failures++;
    }
}
function refused(name, call, message) {
    try {
        call();
        check(name + " raised no exception", "returned", "raised");
    } catch (e) {
        if (message !== null) check(name + " exception message", e.message, message);
    }
}

try {
    var plugin = new ActiveXObject("quorvantapluginie.QuorvantaIEPluginBHO");
    check("version", plugin.version, "2.3.9 64bit");
    check("language before any", plugin.pluginLanguage, "");
    plugin.pluginLanguage = "lv";
    check("language stored", plugin.pluginLanguage, "lv");
    check("error code before a failure", plugin.errorCode, "0");

    // Script Host gives the object no browser site, so no page is https.
    refused("getCertificate", function () { plugin.getCertificate(); }, "Site not allowed");
    check("error code", plugin.errorCode, "19");
    check("error message", plugin.errorMessage, "Site not allowed");
    refused("signWithOperation", function () { plugin.signWithOperation("id", "00", "lv", "auth"); },
            "Site not allowed");
    refused("sign with too few arguments", function () { plugin.sign("id"); }, null);

    var certificate = new ActiveXObject("quorvantapluginie.QuorvantaCertificate");
    check("certificate id", certificate.id, "");
    check("certificate text", certificate.cert, "");
    // No display: the selection dialog returns no certificate.
    refused("select_certificate", function () { certificate.select_certificate(0); }, "User cancelled");
    check("certificate id after a cancel", certificate.id, "");
} catch (e) {
    WScript.Echo("FAIL: unexpected exception: " + e.message);
    failures++;
}
if (failures === 0) WScript.Echo("page script: all checks passed");
WScript.Quit(failures);

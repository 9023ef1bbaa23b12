# The plugin's six identifiers, chosen once for the product. configure_file()
# carries them into the type library source, the registration scripts and the
# C++ header, so they can never disagree.
set(CLSID_QuorvantaIEPluginBHO  DA70C83F-FC41-4FD2-A0A3-D7AEE1C42797)
set(CLSID_QuorvantaCertificate  5AE60919-A183-4C55-9A63-AA260948E620)
set(IID_IQuorvantaIEPluginBHO   8745400D-D7C8-4513-8280-727786BCEDFB)
set(IID_IQuorvantaCertificate   18BB72DB-FFC2-4BB7-842E-4B939C73BE28)
set(LIBID_quorvantapluginieLib  AF74E62B-E85E-4A6A-BEAD-6467646A7784)
set(APPID_quorvantapluginie     D79F6759-D257-4AF9-B83D-05D04A3E2E3E)

# <name>_INIT: the same GUID as a C initializer for the header.
foreach(name CLSID_QuorvantaIEPluginBHO CLSID_QuorvantaCertificate IID_IQuorvantaIEPluginBHO
             IID_IQuorvantaCertificate LIBID_quorvantapluginieLib APPID_quorvantapluginie)
    string(REPLACE "-" "" hex "${${name}}")
    string(LENGTH "${hex}" length)
    if(NOT length EQUAL 32)
        message(FATAL_ERROR "${name} is not a GUID: ${${name}}")
    endif()
    string(SUBSTRING "${hex}" 0 8 data1)
    string(SUBSTRING "${hex}" 8 4 data2)
    string(SUBSTRING "${hex}" 12 4 data3)
    set(bytes "")
    foreach(offset RANGE 16 30 2)
        string(SUBSTRING "${hex}" ${offset} 2 byte)
        list(APPEND bytes "0x${byte}")
    endforeach()
    list(JOIN bytes ", " bytes)
    set(${name}_INIT "{0x${data1}, 0x${data2}, 0x${data3}, {${bytes}}}")
endforeach()

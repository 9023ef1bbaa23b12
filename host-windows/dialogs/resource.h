// Identifiers of the host's dialog resources and their controls.
#pragma once

#define IDD_PIN_DIALOG 101
#define IDD_CERT_CONSENT_DIALOG 103

#define IDC_PIN_FIELD 1001
#define IDC_PIN_LABEL 1002
#define IDC_HOLDER_NAME 1003
#define IDC_ORIGIN 1004
#define IDC_WARNING 1005
#define IDC_ERROR 1006
#define IDC_PERSONAL_CODE 1007
#define IDC_VALIDITY 1008

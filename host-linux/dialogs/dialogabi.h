/* The C interface between the Linux host and its Qt dialog library, which the
 * host loads only when a dialog is needed so that a host that never shows a
 * dialog never starts Qt. The host passes everything the dialog shows (texts
 * in UTF-8, already computed by the dialog model); the library only renders
 * it and reports what the user did. No exception crosses this interface. */
#ifndef QUORVANTA_DIALOGABI_H
#define QUORVANTA_DIALOGABI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QUORVANTA_DIALOG_ABI_VERSION 3
#define QUORVANTA_DIALOG_LIBRARY "libquorvanta-dialogs-qt.so"

/* Width in pixels of a UTF-8 text in the origin line's bold font of this
 * pixel height. */
typedef int (*QuorvantaTextWidth)(void *context, const char *text, int pixelHeight);
/* Fits the origin line into `width` pixels (the host's rule: cut on the left,
 * the registrable domain kept whole, then a smaller font down to
 * `minPixelHeight`, then two lines). `pixelHeight` is the bold font's height
 * by the length rule. Writes the text to show into `text` (UTF-8, NUL
 * terminated, "\n" between two lines; `capacity` of at least the origin's
 * length + 8) and returns the bold font's pixel height; 0 when it cannot. */
typedef int (*QuorvantaFitOrigin)(const char *origin, int width, int pixelHeight,
                                  int minPixelHeight, QuorvantaTextWidth textWidth,
                                  void *textWidthContext, char *text, size_t capacity);

struct QuorvantaPinView {
    const char *title;
    const char *origin; /* whole; the line shows what fitOrigin gives */
    double originFontFactor;
    QuorvantaFitOrigin fitOrigin;
    const char *warning;
    int warningRed;
    const char *holderName;
    const char *personalCode;
    const char *validity;
    const char *errorLine;
    const char *pinLabel;
    const char *okText;
    const char *cancelText;
    /* For screen readers: the dialog's and the PIN field's descriptions. */
    const char *description;
    const char *pinFieldDescription;
    int pinFieldEnabled;
    /* Whether OK may be pressed with a PIN of this many UTF-16 units. */
    int (*okEnabled)(void *context, size_t pinUtf16Length);
    void *okEnabledContext;
    /* Receives the PIN (UTF-8) when OK is pressed; the library wipes its
     * own copy as soon as this returns. */
    void (*acceptPin)(void *context, const char *pin, size_t length);
    void *acceptPinContext;
};

struct QuorvantaConsentView {
    const char *title;
    const char *origin; /* whole; the line shows what fitOrigin gives */
    double originFontFactor;
    QuorvantaFitOrigin fitOrigin;
    const char *warning;
    const char *confirmText;
    const char *cancelText;
    const char *description;
};

enum {
    QUORVANTA_DIALOG_CANCELLED = 0,
    QUORVANTA_DIALOG_ACCEPTED = 1,
    QUORVANTA_DIALOG_FAILED = -1
};

/* Starts the dialog framework once per process. 0 when dialogs can be shown;
 * nonzero when no display can be reached or the versions differ. */
typedef int (*QuorvantaDialogsStart)(int abiVersion);
/* QUORVANTA_DIALOG_ACCEPTED, _CANCELLED or _FAILED. */
typedef int (*QuorvantaPinDialog)(const struct QuorvantaPinView *view);
typedef int (*QuorvantaConsentDialog)(const struct QuorvantaConsentView *view);

#ifdef __cplusplus
}
#endif

#endif

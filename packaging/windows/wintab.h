/* The tablet interface Qt's Windows plugin declares its entry points with, taken from Wine's
 * declarations (Debian's libwine-dev, LGPL 2.1 or later): Debian's Qt source leaves out Wacom's
 * own headers. Wine spells the A/W choice with macros of its own; Windows headers with UNICODE. */
#ifndef VELDRA_WINTAB_H
#define VELDRA_WINTAB_H
#include <windows.h>
#ifndef DECL_WINELIB_TYPE_AW
#ifdef UNICODE
#define WINELIB_NAME_AW(name) name##W
#define DECL_WINELIB_TYPE_AW(type) typedef type##W type;
#else
#define WINELIB_NAME_AW(name) name##A
#define DECL_WINELIB_TYPE_AW(type) typedef type##A type;
#endif
#endif
#ifndef API
#define API WINAPI
#endif
#include "wine_wintab.h"
#endif

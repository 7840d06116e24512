// A container document for the site lock's tests: an object that is both the
// site's IOleContainer and its IHTMLDocument2, whose get_URL answers with a
// given text (nulls inside it kept). Written in C, where the document's long
// interface can be filled in by name; its other methods are left empty and
// crash when called, which no test does.
#pragma once

#include <windows.h>
#include <objbase.h>

#ifdef __cplusplus
extern "C" {
#endif

// A new document with one reference, the caller's; |url| of |length| characters.
IUnknown* CreateContainerDocument(const wchar_t* url, UINT length);

#ifdef __cplusplus
}
#endif

// The wire codec of the automation runtime: VARIANTs to and from D-Bus messages, in the two forms the bus
// carries them. The server and the client both use it, so the two sides cannot drift apart.
//
// - The typed form (the interface named after the programmatic identifier): each value is one basic
//   D-Bus value of its declared type: VT_I2 "n", VT_I4 "i", VT_BOOL "b", VT_R8 and VT_DATE "d", VT_BSTR
//   "s" (a null BSTR goes as ""). A by-reference BSTR goes in as "s" and comes back as a further "s"
//   after the result.
// - The variant form (Mivo.DataBase.Dispatch.Invoke): each value is a "v" whose contents stand for the
//   VARTYPE: "y" UI1, "n" I2 (and I1), "q" UI2, "i" I4, "u" UI4, "x" I8, "t" UI8, "d" R8 (and R4, DATE), "b"
//   BOOL, "s" BSTR; the struct "(u)" a value-less VARTYPE ((0) Empty, (1) Null, (8) a null BSTR, anything
//   else VT_ERROR); the struct "(s)" a by-reference BSTR.
// Every function returns what sd-bus returned (negative errno on failure); -EINVAL for a VARTYPE that has
// no form on the wire.
#pragma once

#include <systemd/sd-bus.h>

#include <deque>
#include <string>

#include "platform/ole/afxdisp.h"

namespace mivo::ole::wire {

// The D-Bus type of a declared parameter or result type byte (a VTS_ byte or a VARTYPE) in the typed
// form, or 0 when it has none.
char TypedCode(unsigned char declared);
// The typed form's in and out signatures of a dispatch map entry; false when a type has no typed form.
bool TypedSignatures(const AFX_DISPMAP_ENTRY& entry, std::string* in, std::string* out);
// Appends `value`, which holds the declared type (a by-reference BSTR: its storage's text), in the typed
// form of `declared`. VT_EMPTY appends nothing.
int AppendTyped(sd_bus_message* m, unsigned char declared, const VARIANT& value);
// Reads one value of the typed form of `declared` into *out, as a VARIANT of the declared type (a
// by-reference parameter reads as a plain VT_BSTR).
int ReadTyped(sd_bus_message* m, unsigned char declared, VARIANT* out);

// Appends `value` as one "v" of the variant form.
int AppendVariant(sd_bus_message* m, const VARIANT& value);
// Reads one "v" of the variant form into *out. A by-reference BSTR gets its storage from *by_ref (which
// keeps it at a stable address) and reads as VT_BSTR|VT_BYREF; without by_ref it reads as a VT_BSTR.
// Returns 1 for a value read, 0 for a variant whose contents no VARTYPE stands for (it is skipped and
// *out is VT_ERROR, which no conversion accepts), negative on a malformed message.
int ReadVariant(sd_bus_message* m, VARIANT* out, std::deque<BSTR>* by_ref);

// The text a by-reference BSTR holds: its storage's value, "" for a null one.
CString ByRefText(const VARIANT& value);

}  // namespace mivo::ole::wire

// host_internal.h - what the host-service sources share among themselves (not installed).
//
// The trace writer owns the one output path for lines (sink hook, trace file or standard error); the
// catalog-message service writes its MESSAGE lines through it. The built-in message catalog text is
// generated at configure time from host/QRXMSENU.
#pragma once

#include <string_view>

namespace qrx::host {

// Writes one whole line "qrx <base name of file>:<line> <KIND> <text>" (or hands it to the sink hook),
// serialised with every other line of the process. kind is a QRXHOST_KIND_* value; severity is used by
// notices only. Never fails and never throws.
void emit_line(const char *file, int line, int kind, int severity, std::string_view text) noexcept;

// Name and text of the catalog built into the library (from host/QRXMSENU).
extern const char kBuiltinCatalogName[];
extern const char kBuiltinCatalogText[];

}  // namespace qrx::host

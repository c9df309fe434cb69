#pragma once

namespace kelmora::python {

// Routes kelmora's shared logger to loguru's `logger` (info and error, the text unchanged but for
// bytes that are not UTF-8, which are shown escaped).
// Installing it writes nothing. Not thread-safe: called once while the extension initializes.
void install_log_sink();

}  // namespace kelmora::python

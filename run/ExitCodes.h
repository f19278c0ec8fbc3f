#pragma once

// The process's exit codes, the same for a single run, a station and the line's refusals; the
// README's table says what each means to a script. A station ends with the worst of its ports'.
namespace zem::exitcode {
inline constexpr int kProgrammed = 0;
inline constexpr int kRefused = 2;       // bad arguments, or a start the checks refused
inline constexpr int kStreamInvalid = 3; // the stream file's contents
inline constexpr int kStreamMissing = 4; // not found, not readable, or its path too long
inline constexpr int kPortNotOpened = 5;
inline constexpr int kResultsLogFailed = 6;
inline constexpr int kNotProgrammed = 7; // refused, failed or aborted
} // namespace zem::exitcode

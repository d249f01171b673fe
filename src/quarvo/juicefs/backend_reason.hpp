// quarvo/juicefs/backend_reason.hpp: why the backend says it failed.
//
// The backend logs records such as
//
//   2026/12/06 17:50:10.313070 juicefs[24569] <FATAL>: Load metadata: dial tcp
//   127.0.0.1:6379: connect: connection refused [format@format.go:553]
//
// to its standard error and, for a background mount, to its log file; a
// record may run over several lines and ends with the source position.
// `backend_reason` finds the last FATAL or ERROR record and returns its
// words alone, on one line: "Load metadata: dial tcp 127.0.0.1:6379: connect:
// connection refused". Passwords in it are masked, the known `secret` too.
//
//   auto reason = backend_reason(failure.stderr_text, password);
//   if (!reason.empty()) return std::unexpected(std::move(error).with_reason(reason));
#ifndef QUARVO_JUICEFS_BACKEND_REASON_HPP_
#define QUARVO_JUICEFS_BACKEND_REASON_HPP_

#include <string>
#include <string_view>

namespace quarvo {

// The last FATAL or ERROR record of the backend's output, cleaned of its
// timestamp, program, level and source position, its lines joined by one
// space, URL passwords and every occurrence of `secret` (4 bytes or more)
// replaced by "****", cut to at most 1000 bytes and "...", and masked again
// (the "..." may complete a secret that ends in dots); it never ends with 4
// bytes or more that begin the secret. Empty when there is none.
[[nodiscard]] std::string backend_reason(std::string_view output, std::string_view secret = {});

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_BACKEND_REASON_HPP_

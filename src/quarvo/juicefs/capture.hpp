// quarvo/juicefs/capture.hpp: what a child writes to one stream, bounded.
//
// Internal to the driver (Child reads its pipes into one per stream). The
// first 64 KiB and the last 128 KiB are kept, read straight into place (no
// copy), with the count of what fell between: a child that floods its
// streams costs neither memory nor more time than reading them.
//
//   auto [at, room] = capture.space();
//   capture.commit(::read(fd, at, room));   // after a read of n > 0 bytes
//   std::string text = capture.take();      // head, "[... N bytes left out ...]", tail
#ifndef QUARVO_JUICEFS_CAPTURE_HPP_
#define QUARVO_JUICEFS_CAPTURE_HPP_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace quarvo {

class BoundedCapture {
 public:
  static constexpr std::size_t kHead = 64 * 1024;
  static constexpr std::size_t kTail = 128 * 1024;

  // Where the next read goes; never empty.
  [[nodiscard]] std::pair<char*, std::size_t> space();
  // `n` bytes were read into space().
  void commit(std::size_t n);
  // Head, a line naming what was left out, tail; the capture is then empty.
  [[nodiscard]] std::string take();

 private:
  std::unique_ptr<char[]> head_;
  std::size_t head_len_ = 0;
  std::unique_ptr<char[]> tail_;
  std::size_t tail_pos_ = 0;      // where the next tail byte goes
  std::uint64_t tail_total_ = 0;  // bytes that went to the tail, overwritten ones included
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_CAPTURE_HPP_

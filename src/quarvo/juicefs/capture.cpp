#include "quarvo/juicefs/capture.hpp"

#include <string_view>

namespace quarvo {

std::pair<char*, std::size_t> BoundedCapture::space() {
  if (head_len_ < kHead) {
    if (!head_) head_ = std::make_unique_for_overwrite<char[]>(kHead);
    return {head_.get() + head_len_, kHead - head_len_};
  }
  if (!tail_) tail_ = std::make_unique_for_overwrite<char[]>(kTail);
  return {tail_.get() + tail_pos_, kTail - tail_pos_};
}

void BoundedCapture::commit(std::size_t n) {
  if (head_len_ < kHead) {
    head_len_ += n;
    return;
  }
  tail_total_ += n;
  tail_pos_ += n;
  if (tail_pos_ == kTail) tail_pos_ = 0;
}

std::string BoundedCapture::take() {
  std::string out(head_.get() == nullptr ? "" : std::string_view(head_.get(), head_len_));
  if (tail_total_ <= kTail) {
    if (tail_) out.append(tail_.get(), tail_total_);
  } else {
    out += "\n[... " + std::to_string(tail_total_ - kTail) + " bytes left out ...]\n";
    out.append(tail_.get() + tail_pos_, kTail - tail_pos_);
    out.append(tail_.get(), tail_pos_);
  }
  *this = BoundedCapture();
  return out;
}

}  // namespace quarvo

// input.h - reads messages from files and pipes without ever holding more
// than a fixed number of bytes per message.
//
// A source (file or standard input) holds one message, or several when its
// first line is an mbox "From " separator. MessageReader hands them out one
// at a time: each is at most `max_bytes` long; the bytes of a longer message
// past the cap are read and dropped (an mbox) or not read at all (a single
// message), and the message is flagged as truncated. So memory stays at
// about `max_bytes` per reader whatever the source holds, /dev/zero included.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace astools {

// The default cap on the bytes of one message that are read and analysed.
constexpr size_t kDefaultMaxMessageBytes = 16u << 20;
// The largest cap a user may set: what the mail engine analyses at most.
constexpr size_t kMaxMessageBytesLimit = 32u << 20;

// Opens a file for reading messages. A FIFO, device or socket is refused
// (with a message saying so) unless `allow_special` is set; the open itself
// never blocks on a FIFO. Returns the descriptor, or -1 with `error` set.
int OpenInputFile(const std::string& path, bool allow_special, std::string& error);

struct Message {
  std::string bytes;       // at most the reader's cap
  bool truncated = false;  // the message was longer than the cap
  size_t index = 0;        // 1 for the first message of the source
  bool last = false;       // no message follows in this source
};

class MessageReader {
 public:
  // Reads from `fd`, which stays the caller's (it is not closed).
  MessageReader(int fd, size_t max_bytes);

  // Fills `out` with the next message. Returns false at the end of the source
  // or on a read error (then error() is not empty). A source with no bytes
  // at all yields one empty message.
  bool Next(Message& out);
  const std::string& error() const { return error_; }

 private:
  bool Fill();  // reads more into buf_; false at end or error
  bool ReadLine(std::string_view& line);

  int fd_;
  size_t max_;
  std::string buf_;
  std::unique_ptr<char[]> chunk_;  // what one read() fills
  size_t pos_ = 0;
  bool eof_ = false;
  bool started_ = false;
  bool mbox_ = false;
  bool done_ = false;
  size_t count_ = 0;
  std::string pending_;  // an mbox separator line already read
  std::string error_;
};

// Reads one message (no mbox splitting): at most `max_bytes` of `fd` into
// `out`; `truncated` tells whether more followed. The bytes read past the
// cap to find that out go to `extra` when it is given, so a filter can pass
// the whole message on. False with `error` on a read failure.
bool ReadBounded(int fd, size_t max_bytes, std::string& out, bool& truncated, std::string& error,
                 std::string* extra = nullptr);

// Writes all of `data` to `fd`, retrying short writes. False on failure.
bool WriteAll(int fd, const char* data, size_t size);
// Copies the rest of `in` to `out`. False on a read or write failure.
bool CopyRest(int in, int out);

}  // namespace astools

// Messages written as protobuf text, so a test shows what a peer sends or what a
// report holds at a glance. Required fields may be left out: peers forge such
// messages too.
#pragma once

#include <stdexcept>
#include <string>

#include <google/protobuf/text_format.h>

// Throws std::invalid_argument when `text` does not parse as a `Message`.
template <class Message>
Message from_text(const std::string& text) {
  Message message;
  google::protobuf::TextFormat::Parser parser;
  parser.AllowPartialMessage(true);
  if (!parser.ParseFromString(text, &message)) throw std::invalid_argument("bad text: " + text);
  return message;
}

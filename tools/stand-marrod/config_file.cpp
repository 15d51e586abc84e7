#include "tools/stand-marrod/config_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

namespace {

// Keeps the first error with its position; the parser's own numbers start at 0.
class first_error_t : public google::protobuf::io::ErrorCollector {
 public:
  void AddError(int line, google::protobuf::io::ColumnNumber column,
                const std::string& message) override {
    if (!text.empty()) return;
    // Errors of the whole message (a missing required field) have no position.
    text = line < 0 ? " " + message
                    : std::to_string(line + 1) + ":" + std::to_string(column + 1) + ": " + message;
  }
  void AddWarning(int, google::protobuf::io::ColumnNumber, const std::string&) override {}

  std::string text;
};

}  // namespace

vl::BrelConfig read_config_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error(path + ": " + std::strerror(errno));
  std::stringstream content;
  content << file.rdbuf();
  if (file.bad()) throw std::runtime_error(path + ": read error");

  vl::BrelConfig config;
  first_error_t errors;
  google::protobuf::TextFormat::Parser parser;
  parser.RecordErrorsTo(&errors);
  if (!parser.ParseFromString(content.str(), &config)) {
    throw std::runtime_error(path + ":" +
                             (errors.text.empty() ? " invalid configuration" : errors.text));
  }
  return config;
}

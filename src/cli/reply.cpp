#include "cli/reply.h"

#include <cstdio>

#include "ax/text.h"

namespace kestreye {
namespace {

void writeLine(const std::string& json) {
  // One write of the whole line; a failure has nobody left to tell.
  const std::string line = json + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

std::string jsonString(std::string_view text) {
  const std::string valid = sanitizeUtf8(text);
  std::string out;
  out.reserve(valid.size() + 2);
  out += '"';
  for (const char c : valid) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string encodeReply(const SuccessResponse& reply) {
  return "{\"success\":true,\"ui_block\":" + jsonString(reply.ui_block) + "}";
}

std::string encodeReply(const ErrorResponse& reply) {
  return "{\"success\":false,\"error\":" + jsonString(reply.error) + "}";
}

void outputSuccess(std::string_view uiBlock) {
  writeLine(encodeReply(SuccessResponse{std::string(uiBlock)}));
}

void outputError(std::string_view message) {
  writeLine(encodeReply(ErrorResponse{std::string(message)}));
}

}  // namespace kestreye

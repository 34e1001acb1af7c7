#include "scan/reply.h"

#include <cstdio>

#include "text/json.h"

namespace kestreye {
namespace {

void writeLine(const std::string& json) {
  // One write of the whole line; a failure has nobody left to tell.
  const std::string line = json + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

std::string encodeReply(const Reply& reply) {
  return std::visit([](const auto& held) { return encodeReply(held); }, reply);
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

void outputReply(const Reply& reply) {
  if (const auto* success = std::get_if<SuccessResponse>(&reply)) {
    outputSuccess(success->ui_block);
  } else {
    outputError(std::get<ErrorResponse>(reply).error);
  }
}

}  // namespace kestreye

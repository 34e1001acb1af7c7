// The reply envelope: the only thing a run writes to standard output.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace kestreye {

/// A successful scan's reply: the UI context block.
struct SuccessResponse {
  static constexpr bool success = true;
  std::string ui_block;
};

/// A failed run's reply: a short message.
struct ErrorResponse {
  static constexpr bool success = false;
  std::string error;
};

/// The reply of one run: the block or the message.
using Reply = std::variant<SuccessResponse, ErrorResponse>;

/// The compact JSON object of a reply, "success" first.
std::string encodeReply(const Reply& reply);
/// The compact JSON object of a reply, "success" first.
std::string encodeReply(const SuccessResponse& reply);
/// The compact JSON object of a reply, "success" first.
std::string encodeReply(const ErrorResponse& reply);

/// Writes one success reply line to standard output.
void outputSuccess(std::string_view uiBlock);
/// Writes one error reply line to standard output.
void outputError(std::string_view message);
/// Writes the reply line of either kind to standard output.
void outputReply(const Reply& reply);

}  // namespace kestreye

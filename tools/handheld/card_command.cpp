// handheld card: takes the card out of a running handheld's socket, puts it back, or both, as a
// user at the handheld would; the adapter is halted and brought up again by the socket.
#include <iostream>

#include "commands.h"
#include "mgmt_client.h"

namespace teskel::handheld {

int cardCommand(Context &context, const std::vector<std::string> &args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << "Usage: handheld [--root DIR] card eject|insert|reinsert\n"
                 "\n"
                 "Takes the card out of the running handheld's socket (its adapters are halted), puts it\n"
                 "back in (the socket loads the driver and brings the adapters up), or both. The card\n"
                 "keeps its non-volatile memory. Prints what happened; exit status 0 when it went well,\n"
                 "1 when it did not, 2 when no handheld runs on the root folder.\n";
    return 0;
  }
  if (args.size() != 1)
    throw UsageError(args.empty() ? "card needs eject, insert or reinsert" : "card: unexpected argument " + argText(args[1]));
  mgmt::CardRequest request;
  if (args[0] == "eject")
    request.action = mgmt::CardAction::Eject;
  else if (args[0] == "insert")
    request.action = mgmt::CardAction::Insert;
  else if (args[0] == "reinsert")
    request.action = mgmt::CardAction::Reinsert;
  else
    throw UsageError("card: unknown action " + argText(args[0]) + ": eject, insert or reinsert");

  mgmt::Client client(context.runningRoot());
  mgmt::Answer answer = client.exchange(request);
  if (auto *error = std::get_if<mgmt::ErrorAnswer>(&answer)) {
    std::cerr << "handheld: card " << args[0] << ": " << error->message << "\n";
    return 1;
  }
  auto *done = std::get_if<mgmt::CardAnswer>(&answer);
  if (!done) throw std::runtime_error("the handheld answered a card request with something else");
  if (!done->ok) {
    std::cerr << "handheld: card " << args[0] << ": " << done->text << "\n";
    return 1;
  }
  std::cout << done->text << "\n";
  return 0;
}

}  // namespace teskel::handheld

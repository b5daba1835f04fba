// File operations and the screen capture (to be filled in with the transfers).
#include "link/link_error.h"
#include "session/xmodem_server.h"

namespace corvane {

bool TXModemServer::GetFile(const Bytes&, const std::string&, int64_t) { LinkError("not implemented"); }
bool TXModemServer::PutFile(const Bytes&, const std::string&) { LinkError("not implemented"); }
void TXModemServer::DeleteItem(const Bytes&) { LinkError("not implemented"); }
void TXModemServer::RenameItem(const Bytes&, const Bytes&) { LinkError("not implemented"); }
void TXModemServer::OpenItem(const Bytes&) { LinkError("not implemented"); }
bool TXModemServer::CaptureScreen(const std::string&) { LinkError("not implemented"); }

}  // namespace corvane

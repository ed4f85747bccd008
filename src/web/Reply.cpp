#include "web/Reply.h"

Reply TextReply(unsigned status, std::string text) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(text);
    reply.body += '\n';
    return reply;
}

Reply JsonReply(const nlohmann::json& value) {
    Reply reply;
    reply.type = "application/json";
    reply.body = JsonText(value);
    return reply;
}

std::string JsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

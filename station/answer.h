// What the bench's operations answer the HTTP layer: an HTTP status and a JSON body.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

struct ApiAnswer {
    int status = 200;
    nlohmann::ordered_json body;
};

// A refusal: the status and {"error":TEXT}.
inline ApiAnswer ErrorAnswer(int status, const std::string& text) {
    return {status, nlohmann::ordered_json{{"error", text}}};
}

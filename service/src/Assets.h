// The dashboard's files and the OpenAPI document, built into the program (service/web/, made
// into DashboardAssets.cpp at build time by cmake/EmbedAssets.cmake).
#pragma once

#include <cstddef>
#include <string_view>

struct TS_ASSET {
    const char* Path; // "/", "/app.js", "/api/v1/openapi.json"
    const char* Type; // its Content-Type
    const unsigned char* Data;
    std::size_t Size;
};

// The asset at a path, or nullptr.
const TS_ASSET* FindAsset(std::string_view path);

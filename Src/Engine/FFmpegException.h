#pragma once

#include <stdexcept>
#include <string>

namespace qm {

// Every fatal option, setup or transcode error of the engine. Carries only its message.
class FFmpegException : public std::runtime_error {
public:
    explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
};

} // namespace qm

#include "Exception.h"

#include <utility>

Exception::Exception(std::string message)
    : FMessage(std::move(message))
{
}

const char* Exception::what() const noexcept
{
    return FMessage.c_str();
}

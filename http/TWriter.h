// Writes a component's layout text in the form TReader.h describes: every published property in
// published order, leaving out each one equal to its streamed default.
#pragma once

#include <string>

class TComponent;

std::string WriteComponentLayout(TComponent& component);

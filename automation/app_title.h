#pragma once

#include <string>

namespace orv {

// "Orvandel": the main window's caption and the settings section.
extern const char kProductTitle[];

// The application title made from `productTitle` (UTF-8): the last word is cut off, again and
// again, until at most 40 characters are left. A title without a space is kept whole (cut to
// 40 characters if longer).
std::string appTitleFrom(const std::string& productTitle);

// Sets the process's application title from the product title (module Main).
void SetAppTitle();

// The caption of every message box shown without one of its own.
std::string applicationTitle();

}  // namespace orv

#pragma once

#include <memory>
#include <optional>

#include "server/engine.h"
#include "server/engine_registry.h"

namespace orv::ooxml {

// Open XML from the bytes: a ZIP archive whose package relationships name a workbook part of a
// workbook content type. Tells transitional workbooks (opened here) from Strict ones and binary
// workbooks (.xlsb), which are recognised and refused. Keeps the content types it read for the
// engine.
std::optional<FileFormat> probeOoxml(ProbeInput& input);

// Opens a transitional workbook with the archive the probe opened.
std::unique_ptr<Engine> openOoxml(ProbeInput& input);

}  // namespace orv::ooxml

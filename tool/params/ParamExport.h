// SPDX-License-Identifier: MIT
// Export and import of a parameter set as JSON (nlohmann-json) or YAML
// (yaml-cpp), for version control and other tools: every parameter the
// set holds with its keyword, value, section and description, in table
// order, one a line; and, where the set knows them, the bytes of the
// block no keyword holds, so that reading an export gives back the very
// bytes it was made from.
//
// The layout (JSON; YAML has the same keys):
//   {
//     "format": "orvexconf-parameters/1",
//     "blockLength": 4096,                    only for a whole block
//     "parameters": [
//       {"keyword": "Name", "value": "rover7", "section": "robot", "description": "Name"},
//       {"keyword": "Sonar3", "hex": "0a31", "section": "robot", "description": "..."},
//       ...
//     ],
//     "otherBytes": [                         only where the set knows them
//       {"offset": 31, "hex": "7f"},
//       {"offset": 422, "count": 3674, "fill": "ff"}
//     ]
//   }
// A number's "value" is an integer; a text's "value" is the text up to its
// terminator when it is printable UTF-8, else "hex" holds its bytes. The
// offsets of "otherBytes" count in the block (its byte order); bytes not
// listed there are zero. A text's bytes after its terminator are other
// bytes too; reading them back, they are taken only where the text read
// leaves its field free.
#ifndef PARAMEXPORT_H
#define PARAMEXPORT_H

#include "ParamSet.h"

#include <string>

/// The value of "format" in every export.
extern const char *const PARAM_EXPORT_FORMAT;

/// The export format a name stands for: "json" or "yaml" (letter case
/// ignored); false for any other.
bool exportFormatNamed(const std::string &name, ParamSetFormat *format);

/// The export's text (format json or yaml); "" for any other format.
std::string exportParamSet(const ParamSet &set, ParamSetFormat format);

/// Reads an export's text (format json or yaml). A text that is no export
/// of this layout gives a set with error set (naming source and, where
/// known, the line); a single parameter that cannot be taken is a problem
/// of its line, and the rest are read.
ParamSet paramSetFromExportText(const std::string &text, ParamSetFormat format,
                                const std::string &source);
/// Reads an export file in the format its name stands for (.json, .yaml,
/// .yml; any other name is read as JSON).
ParamSet paramSetFromExportFile(const std::string &fileName);

/// Writes the export to fileName through a file put in place whole. An
/// existing file is replaced only when replace is set, and never through
/// a symbolic link. False with *error naming the file and the reason.
bool writeParamSetExport(const ParamSet &set, ParamSetFormat format, const std::string &fileName,
                         bool replace, std::string *error);

#endif

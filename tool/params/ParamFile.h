// SPDX-License-Identifier: MIT
// Parameter file binding: registers the entries of a parameter table with a
// configuration registry, bound directly to the FLASH image and the text
// buffers, so that the registry writes and reads the parameter file.
#ifndef PARAMFILE_H
#define PARAMFILE_H

#include "ParamTables.h"

#include <string>

class ZyConfig;
class ZyConfigArg;

/// The registry parameter of an entry, bound to value (the entry's first
/// byte in some image laid out like flashImage, 16-bit words in host order)
/// and, for a bufferedText entry, to textBuffer (size + 1 bytes): the
/// bounds and text lengths a parameter file is read with.
ZyConfigArg paramConfigArg(const ParamEntry &entry, unsigned char *value, char *textBuffer);

/// Adds every entry of the table, in table order, to the registry's unnamed
/// section at priority Normal, creating the text buffers of bufferedText
/// entries first. An entry whose name the section already holds is not
/// added again.
void registerTable(ParamEntry *table, ZyConfig *config);
/// The same with the process-wide registry of the library.
void registerTable(ParamEntry *table);
/// Registers the tables a parameter file carries (fileTables), in order.
void registerFileTables(ZyConfig *config);

/// Prepares the run's registry for parameter files: the tables a file
/// carries, written without blank lines between them, names relative to
/// the current folder.
void prepareRunRegistry(ZyConfig *config);

/// True when a save to fileName can be put in place (saveParameterFile);
/// otherwise says so as the registry would ("ZyConfig: Cannot open file
/// './x' for writing").
bool saveParameterFileCanBeWritten(const char *fileName);

/// Saves the registry's parameters to fileName (-s, the shell's "save
/// FILE") through a new file put in place whole, never through a link at
/// its place, which is replaced; a link to a named pipe or a character
/// device (/dev/stdout) is written through, in place. A file replaced
/// keeps its permissions; a new one gets those of the umask. False with
/// the registry's message.
bool saveParameterFile(const char *fileName, ZyConfig *config);

/// Writes the parameters a parameter file carries, as a block (4096 bytes,
/// the block's byte order) holds them, to fileName as the run's registry
/// writes a save, through a registry of its own bound to the block's
/// image: the run's image and registry are not touched. Never replaces
/// or writes through anything at fileName; false (with the registry's
/// message) when the file was not written whole.
bool writeNewParameterFile(const unsigned char *block, const char *fileName);

/// Restores a parameter file into the registered tables. An export named
/// .json, .yaml or .yml is read as one (paramSetFromExportFile) and every
/// parameter it holds applied (applyParamSet), its problems logged with
/// their lines (unknown keywords at Normal, refused values at Terse); true
/// when none was refused. Any other name is a parameter file: reads it into the
/// registry (going on after refused lines), reports every line that names
/// no parameter with its number and the nearest known keyword ("line 12:
/// unknown keyword 'HostBuad' (did you mean 'HostBaud'?), kept, not
/// applied"), and carries the restored bufferedText values into the FLASH
/// image, also after a failed read. True when every line was read without
/// error; unknown lines are no error.
bool restoreParameterFile(const char *fileName, ZyConfig *config);
/// The same with the process-wide registry of the library.
bool restoreParameterFile(const char *fileName);

struct ParamSet;
/// Reads a restore file once, as restoreParameterFile does (the same
/// messages, the same lines kept in the registry), and returns what it
/// set as a set, so that a run can read the file before it connects and
/// apply its values (applyParamSet) once the FLASH block is read. *parsed
/// gets what restoreParameterFile returns.
ParamSet readRestoreFile(const char *fileName, ZyConfig *config, bool *parsed);

/// The registered parameter of the registry's unnamed section nearest to
/// the keyword (letters compared without regard to case; a swap of two
/// neighbours counts as one edit), or "" when none is close enough.
std::string nearestKeyword(const ZyConfig &config, const std::string &keyword);
/// The same over the keywords of the tables (the command line's).
std::string nearestKeyword(const ParamTableList &tables, const std::string &keyword);

/// Edits between two texts (letter case counts): insertions, deletions,
/// replacements, and swaps of two neighbouring characters.
size_t editDistance(const std::string &a, const std::string &b);

#endif

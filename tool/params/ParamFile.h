// Parameter file binding: registers the entries of a parameter table with a
// configuration registry, bound directly to the FLASH image and the text
// buffers, so that the registry writes and reads the parameter file.
#ifndef PARAMFILE_H
#define PARAMFILE_H

#include "ParamTables.h"

class ZyConfig;

/// Adds every entry of the table, in table order, to the registry's unnamed
/// section at priority Normal, creating the text buffers of bufferedText
/// entries first. An entry whose name the section already holds is not
/// added again.
void registerTable(ParamEntry *table, ZyConfig *config);
/// The same with the process-wide registry of the library.
void registerTable(ParamEntry *table);

#endif

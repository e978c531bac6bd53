// Placeholder until this part is written.
#include "png_heightmap.h"
Status load_battle_file(const char* path, BattleFile* out) { (void)path; out->data = nullptr; return status_refused; }

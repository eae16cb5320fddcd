#pragma once

// The 40-hex-digit commit the program was built from (40 zeros outside git).
extern const char *const build_revision;

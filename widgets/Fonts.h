#pragma once

// Maps the face names that the window asks for ("MS Sans Serif", "楷体", "Arial") onto fonts that
// Debian provides, with DejaVu Sans ahead of WenQuanYi Micro Hei in every fallback list because
// WenQuanYi draws U+2103 (the degree Celsius sign) as a blank. Call before building any widget.
void InstallFontSubstitutions();

// Placeholder; the element implementation replaces it.

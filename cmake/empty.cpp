// Placeholder so that a library whose directory has no units yet still builds.

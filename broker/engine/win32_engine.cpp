// Replaced by the engine host.

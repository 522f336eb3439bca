// Replaced by the platform services.

# Session files, service log, engine host tests.

// e2e harness: to be written

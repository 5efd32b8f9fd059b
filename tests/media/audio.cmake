# audio tests

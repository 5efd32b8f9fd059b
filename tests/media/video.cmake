# video tests

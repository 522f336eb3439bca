# Route table, resolver, probe and flow probe tests.

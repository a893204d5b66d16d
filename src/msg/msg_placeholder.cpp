// placeholder until the MSG reader lands

// placeholder until the convert layer lands

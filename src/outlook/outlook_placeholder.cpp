// placeholder until the outlook layer lands

# Monthly summary template
title = Monthly summary
sections = sales, purchases, balance

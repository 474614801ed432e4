# Business letter template
title = Letter
fields = recipient, subject, body, signature
